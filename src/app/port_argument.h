// The port argument of the command line.
//
//   ParsePortNumber(text)  the number as the C runtime's atoi reads it (leading white space,
//                          one sign, digits up to the first other character, 0 for none);
//                          0 when it overflows an int, so it can never wrap onto a real port
#pragma once

int ParsePortNumber(const char* text);
