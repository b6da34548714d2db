// Test helper for the ReginDetector end-to-end suite (not part of the program): prints
// "ready", then the code of every key _getch returns, one per line, until Enter (13).
// It shows which keys typed through tmux actually reach _getch under Wine, so a test that
// types keys at the program's prompt can rely on them being delivered.
#include <conio.h>
#include <stdio.h>

int main() {
    printf("ready\n");
    fflush(stdout);
    for (int n = 0; n < 1000; ++n) {
        int c = _getch();
        printf("%d\n", c);
        fflush(stdout);
        if (c == 13 || c == -1) break;
    }
    return 0;
}
