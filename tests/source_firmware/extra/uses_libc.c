/* Built into the newlib variant only: calls into the C library, whose debug information names
   the files of another machine's build tree. */
#include <string.h>

char line_copy[32];

unsigned line_length(const char *line) {
    memcpy(line_copy, line, sizeof line_copy);
    return (unsigned)strlen(line_copy);
}
