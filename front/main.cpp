#include "front/run.h"

int main(int argc, char **argv) { return run_cddaplay(argc, argv); }
