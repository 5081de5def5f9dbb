#include "CliApp.h"

int main(int argc, char** argv) {
    return CliApp::Main(argc, argv);
}
