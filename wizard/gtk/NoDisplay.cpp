// Builds without a graphical toolkit run silent installations only.
#include "wizard/gtk/GraphicalFrontEnd.h"

namespace setup {

std::unique_ptr<WizardFrontEnd> LoadGraphicalFrontEnd(SetupContext&, int&, char**&) { return nullptr; }

}  // namespace setup
