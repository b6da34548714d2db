// The run from the banner to the keystroke that ends it.
#pragma once

#include "platform/Platform.h"

extern const char Banner[];
extern const char CleanVerdict[];
extern const char InfectedVerdict[];
extern const char EnterPrompt[];

// How long the main thread waits for the report before it shows the verdict.
constexpr DWORD InfectedReportWaitMs = 10000;
constexpr DWORD CleanReportWaitMs = 3000;

// The three phases of the scan, strictly in order, on the calling thread.
void RunScan();

// Starts the report thread and waits for it no longer than the report wait.
void SendReport();

// Reads keys without echo until Enter, or until no key can ever come.
void AwaitEnter();

// The whole run; returns the exit status, always 0.
int RunProgram();
