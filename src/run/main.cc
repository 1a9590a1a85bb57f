#include "run/run.h"

int main(int argc, char** argv) { return tarvelo::run_main(argc, argv); }
