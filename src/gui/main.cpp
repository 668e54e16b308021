#include <cstdio>

int main()
{
    std::puts("tessaly: the main window is not built yet");
    return 0;
}
