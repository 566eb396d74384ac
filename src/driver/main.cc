#include <cstdio>
#include <iostream>

#include "driver/driver.h"

int main() {
  return runslideshow(std::cout, std::cerr, [] { std::getchar(); });
}
