// The driver's own process as the user's terminal sees it: how it is set
// up, whether an output is a terminal, and the wait for a key.
// console-posix.cc implements it.
#pragma once

// Once, at the start: a log whose reader has gone, or a file over the
// size limit, becomes a write error to report rather than the end of the
// run, and no crash leaves a core file in the user's folder. A console
// that shows another code page is set to show UTF-8 names (Windows), until
// restoreconsole().
void setupprocess();
// Puts back what setupprocess changed in the console, before the process
// ends (also by an interruption).
void restoreconsole();

// Whether standard output is a terminal.
bool logisterminal();

// Waits for one key, where standard input and standard output are the
// terminal (the console) the run is in front of, so that the user saw the
// prompt; reads nothing from input of any other kind (a pipe, a file), which
// belongs to whoever started the run, nor when the log goes elsewhere. The
// key is read whole: all bytes of an escape sequence (an arrow, a function
// key, Alt and a key) or of a UTF-8 character, none left for the shell. The
// terminal takes the key without Enter and without echoing it, and is put
// back as it was on every way out, a signal included. Called with no
// interruptguard alive, so that an interruption ends the wait, and the
// process, at once.
void waitforkey();
