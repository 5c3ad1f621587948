// Vorlax: a shared drawing board, chat and file trade for two people on one network.

#include "app/ListenerCheck.h"
#include "app/ProgramStart.h"

#include <cstring>

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], kCheckOnlineOption) == 0)
        return runOnlineCheck(argc, argv);
    return runProgram(argc, argv);
}
