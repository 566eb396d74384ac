// The driver's own process as the user's terminal sees it: how it is set
// up, whether an output is a terminal, and the wait for a key.
// console-posix.cc implements it.
#pragma once

// Once, at the start: a log whose reader has gone, or a file over the
// size limit, becomes a write error to report rather than the end of the
// run, and no crash leaves a core file in the user's folder.
void setupprocess();

// Whether standard output is a terminal.
bool logisterminal();

// Waits for one character (a line, on a terminal) on standard input; the
// end of input ends the wait too. Called with no interruptguard alive, so
// that an interruption ends the wait, and the process, at once.
void waitforkey();
