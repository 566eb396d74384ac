// The render program's own run (vantrel-render, main.cc): it takes the
// show vantrel asks for on its channel (worker/renderwire.h), sets itself up
// (the title card, the encoders), locks itself in (worker/sandbox.h) and
// renders, reporting on the same channel as it goes.
#pragma once

// Serves the one request that comes on channel; returns the program's exit
// status: 0 when the video was made, 2 when it was not (its report says
// why), 125 when no request came (the program was not started by vantrel).
int serverender(int channel);
