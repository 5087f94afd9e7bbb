// A take whose terminal hung up.
#include "term/detached.h"

#include <fcntl.h>
#include <unistd.h>

void DropLostTerminal()
{
    const int nowhere = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (nowhere < 0)
        return;  // a terminal that hung up fails writes at once; it only loses the lines
    dup2(nowhere, STDOUT_FILENO);
    dup2(nowhere, STDERR_FILENO);
    close(nowhere);
}
