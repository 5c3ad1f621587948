// Vorlax: a shared drawing board, chat and file trade for two people on one network.

#include "app/ProgramStart.h"

int main(int argc, char** argv) {
    return runProgram(argc, argv);
}
