#pragma once

class CVantrelDistributionDlg;

// The automation object: another program holds it to keep the application running. It has
// no methods or properties of its own. While it exists it and the main dialog point at each
// other (the dialog's AutomationProxy, the proxy's OwnerDialog); each side clears the other's
// pointer when it goes away.
class CVantrelDistributionDlgAutoProxy {
public:
    CVantrelDistributionDlgAutoProxy() = default;
    // Clears the owner dialog's AutomationProxy, so that the dialog never reaches a proxy
    // that is gone.
    virtual ~CVantrelDistributionDlgAutoProxy();
    CVantrelDistributionDlgAutoProxy(const CVantrelDistributionDlgAutoProxy&) = delete;
    CVantrelDistributionDlgAutoProxy& operator=(const CVantrelDistributionDlgAutoProxy&) = delete;

    // Makes `dialog` the owner and this proxy the dialog's AutomationProxy; from then on Exit
    // and the close box of `dialog` only hide it. `dialog` may be none.
    void Attach(CVantrelDistributionDlg* dialog);

    // The dialog that this proxy holds, or none once the dialog is gone.
    CVantrelDistributionDlg* OwnerDialog = nullptr;
};
