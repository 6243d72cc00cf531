#include "tools/kandrel/kandrel.h"

int main(int argc, char** argv) {
    return kandrel_main(argc, argv);
}
