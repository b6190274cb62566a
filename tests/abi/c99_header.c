/* A C99 program against the public header: it must compile with -pedantic. */
#include <pylox/pylox.h>

#include <stdio.h>

int main(void)
{
    puts(pylox_error_name(-10));
    return 0;
}
