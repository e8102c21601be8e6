/* A firmware test: prints through the debugger's semihosting, shows the
   command line it was given, and exits with code 3 for the host to see. */
#include <stdio.h>
#include <stdlib.h>

int main(int argc, char** argv) {
    printf("hello from the target\n");
    printf("argc %d\n", argc);
    for (int i = 0; i < argc; ++i) printf("argv[%d] %s\n", i, argv[i]);
    return 3;
}
