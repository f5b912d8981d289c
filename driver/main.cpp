#include "driver/update.h"

// The program takes no arguments and reads no configuration.
int main()
{
    return update_run();
}
