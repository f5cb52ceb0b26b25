// The program's main, compiled as stelmo_main into the object library
// stelmo_program (panel/CMakeLists.txt) for the tests that run the program.
#pragma once

int stelmo_main(int argc, char *argv[]);
