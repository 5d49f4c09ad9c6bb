#include "app/field_trace.h"
#include "app/front_end.h"

int main(int argc, char** argv) { return EndTrace(BoxloadMain(argc, argv)); }
