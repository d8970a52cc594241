#include <iostream>

#include "vorpanectl/vorpanectl.h"

int main(int argc, char** argv) { return vorpanectl::run(argc, argv, std::cout, std::cerr); }
