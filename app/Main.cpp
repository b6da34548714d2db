#include "app/ProgramFlow.h"

#include <stdio.h>

int main() {
    // One console write per line: the program flushes after every status line,
    // found line and the prompt, so the text on screen is never late.
    setvbuf(stdout, nullptr, _IOFBF, 16384);
    return RunProgram();
}
