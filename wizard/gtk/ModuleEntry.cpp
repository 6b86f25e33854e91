// The module's one entry, found by name once the program has loaded it.
#include "wizard/gtk/GraphicalFrontEnd.h"

extern "C" setup::WizardFrontEnd* setup_create_graphical_front_end(setup::SetupContext* context, int* argc,
                                                                    char*** argv) {
  return setup::CreateGraphicalFrontEnd(*context, *argc, *argv).release();
}
