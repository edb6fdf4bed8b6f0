#include "app/vantrel_distribution_app.h"

int main(int argc, char** argv) {
    CVantrelDistributionApp app(argc, argv);
    app.InitInstance();
    return app.ExitInstance();
}
