#include <sys/ioctl.h>
#include <unistd.h>

#include "vorn_report_util.h"

bool util_stderr_is_terminal() { return isatty(STDERR_FILENO) == 1; }

int util_stderr_columns() {
    struct winsize size {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}
