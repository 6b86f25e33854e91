#include "wizard/SetupProgram.h"

int main(int argc, char** argv) { return setup::RunSetupProgram(argc, argv); }
