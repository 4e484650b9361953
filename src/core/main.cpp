#include "core/DriveRecorderApp.h"

int main(int argc, char** argv) { return DriveRecorderMain(argc, argv); }
