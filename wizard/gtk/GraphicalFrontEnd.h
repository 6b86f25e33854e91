#pragma once
// The GTK window, when there is a display to show it on.
#include <memory>

#include "wizard/SetupProgram.h"

namespace setup {

// The graphical front-end for this context, or null when no display can be
// opened. Called once, after the language choice and before the preparation.
std::unique_ptr<WizardFrontEnd> CreateGraphicalFrontEnd(SetupContext& context, int& argc, char**& argv);

// The program's way to it: the window and GTK are loaded only when there is
// a display; null otherwise, or when they cannot be loaded.
std::unique_ptr<WizardFrontEnd> LoadGraphicalFrontEnd(SetupContext& context, int& argc, char**& argv);

}  // namespace setup
