#include "app/run_state.h"

int main(int argc, char** argv) { return BoxloadMain(argc, argv); }
