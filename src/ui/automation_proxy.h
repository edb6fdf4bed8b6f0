#pragma once

class CVantrelDistributionDlg;

// The automation object: another program holds it to keep the application running. It has
// no methods or properties of its own. While it exists it and the main dialog point at each
// other (the dialog's AutomationProxy, the proxy's OwnerDialog); each side clears the other's
// pointer when it goes away.
class CVantrelDistributionDlgAutoProxy {
public:
    CVantrelDistributionDlgAutoProxy() = default;
    virtual ~CVantrelDistributionDlgAutoProxy() = default;
    CVantrelDistributionDlgAutoProxy(const CVantrelDistributionDlgAutoProxy&) = delete;
    CVantrelDistributionDlgAutoProxy& operator=(const CVantrelDistributionDlgAutoProxy&) = delete;

    // The dialog that this proxy holds, or none once the dialog is gone.
    CVantrelDistributionDlg* OwnerDialog = nullptr;
};
