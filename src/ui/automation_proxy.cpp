#include "ui/automation_proxy.h"

#include "ui/vantrel_distribution_dlg.h"

CVantrelDistributionDlgAutoProxy::~CVantrelDistributionDlgAutoProxy() {
    if (OwnerDialog != nullptr && OwnerDialog->AutomationProxy() == this) {
        OwnerDialog->SetAutomationProxy(nullptr);
    }
}

void CVantrelDistributionDlgAutoProxy::Attach(CVantrelDistributionDlg* dialog) {
    OwnerDialog = dialog;
    if (dialog != nullptr) {
        dialog->SetAutomationProxy(this);
    }
}
