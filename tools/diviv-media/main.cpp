#include "MediaCommands.h"

int main(int argc, char** argv) { return media::RunCommandLine(argc, argv, stdout, stderr); }
