// A take whose terminal is gone: its output goes nowhere.
#pragma once

// Puts /dev/null in place of standard output and standard error, so that nothing is
// written to a terminal that hung up (no wait, no error). From the main thread only.
void DropLostTerminal();
