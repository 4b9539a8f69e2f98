// `vantrel_test_kwin_click X Y`: one left click at (X, Y) in a headless KWin, through its fake-input protocol.
#include "FakePointer.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    FakePointer pointer;
    if (argc != 3 || !pointer.isValid()) {
        std::fprintf(stderr, "usage: %s X Y (inside a KWin session that offers fake input)\n", argv[0]);
        return 2;
    }
    pointer.click(std::atoi(argv[1]), std::atoi(argv[2]));
    return 0;
}
