#pragma once

namespace tessaly {
// What Qt gives assistive technology, mended where it names a control by its content: a combo
// box is named by its label (or its own accessible name), its current entry is its value. Qt's
// own interface on Linux names the box by the entry it shows ("User"), and a person hears
// the choice without the question. Installs once; before or after widgets exist.
void InstallAccessibleNames();
}
