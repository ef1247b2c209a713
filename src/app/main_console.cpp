// The box's second program: the factory test console.
#include "app/console.h"

int main() { return console_main(); }
