#include "scan/Findings.h"

#include "app/ConsoleText.h"

#include <stdio.h>

bool InfectionFound = false;

void RecordFind(const std::wstring& path) {
    printf("Found: %s\n", ToConsoleText(path).c_str());
    fflush(stdout);
    InfectionFound = true;
}
