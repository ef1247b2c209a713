// The box's program: the rescue front end.
#include "app/testui.h"

int main() { return testui_main(); }
