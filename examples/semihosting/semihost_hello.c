/* A firmware test: prints through the debugger's semihosting, shows the
   command line it was given, echoes a line of the host's input when there is
   one, and exits with code 3 for the host to see. */
#include <stdio.h>

int main(int argc, char** argv) {
    printf("hello from the target\n");
    printf("argc %d\n", argc);
    for (int i = 0; i < argc; ++i) printf("argv[%d] %s\n", i, argv[i]);
    char line[64];
    if (fgets(line, sizeof line, stdin) != NULL) printf("read: %s", line);
    return 3;
}
