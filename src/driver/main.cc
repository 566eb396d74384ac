#include "driver/entry.h"

int main(int argc, char** argv) { return runvantrel(argc, argv); }
