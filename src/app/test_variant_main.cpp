// The program as the tests start it: the installed one plus a test operator (test_operator.h),
// which a shipped program must not contain.
#include "app/test_operator.h"
#include "app/vantrel_distribution_app.h"

int main(int argc, char** argv) {
    SetDialogCompanionFactory([](CVantrelDistributionDlg& dialog) -> std::unique_ptr<QObject> {
        return vantrel::TestOperator::FromEnvironment(dialog);
    });
    CVantrelDistributionApp app(argc, argv);
    app.InitInstance();
    return app.ExitInstance();
}
