#pragma once

namespace tessaly {
// Registers the program's compiled-in Qt resources. The resources live in a static
// library, so nothing would pull them into a program unless someone asks for them;
// safe to call more than once.
void InitResources();
}
