#include <iostream>
#include <string>
#include <vector>

#include "TesselCli.h"

int main(int argc, char** argv) {
    const std::vector<std::string> words(argv + 1, argv + argc);
    return tessel::cli::run(words, std::cout, std::cerr);
}
