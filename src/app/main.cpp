#include "app/CTarvoApp.h"
#include "operation/ThreadStart.h"

int main(int argc, char** argv) {
    int exitCode = 0;
    {
        CTarvoApp app(argc, argv);
        exitCode = app.InitInstance();
    }
    EndProcessNow(exitCode);
}
