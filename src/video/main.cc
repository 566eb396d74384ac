// vantrel-render: the program that renders a vantrel --video show, started
// by vantrel alone.
#include <cstdlib>

#include "video/serve.h"
#include "worker/renderwire.h"

// Locked in, the program leaves at once: the handlers that run at exit (a
// leak checker's among them) would make calls its sandbox forbids.
int main() { std::_Exit(serverender(renderchannel)); }
