// Runs one FindChunkTag scan for "data" on the named file and prints its result, so that
// the system calls of a single scan can be counted: takebox_tag_scan FILE.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "wav/wav.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: takebox_tag_scan FILE\n");
        return 2;
    }
    const int fd = open(argv[1], O_RDONLY);
    if (fd < 0) {
        perror(argv[1]);
        return 2;
    }
    uint32_t offset = 0;
    const int found = FindChunkTag(fd, "data", 4, &offset);
    close(fd);
    if (found)
        printf("data tag at %u\n", offset);
    else
        printf("no data tag\n");
    return 0;
}
