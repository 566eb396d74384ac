#include "driver/driver.h"

int main(int argc, char** argv) { return runcommand({argv + 1, argv + argc}); }
