#pragma once

#include <string>

/// Config.ini as the first start writes it: the parameters at their defaults, in order.
inline const std::string DefaultConfigText = "[Communication]\n"
                                             "Comm Port=COM1\n"
                                             "Baud Rate=9600\n"
                                             "Poll Interval=10\n"
                                             "Poll Timeout=500\n"
                                             "Poll From=1\n"
                                             "Poll To=10\n"
                                             "FrameBreakMode=1\n"
                                             "ReadInterval=20\n"
                                             "Parity=N\n"
                                             "Stop Bits=1\n"
                                             "[Modbus]\n"
                                             "Register Begin=0\n"
                                             "Register Count=2\n"
                                             "Function Code=3\n"
                                             "Value Format=int32:abcd\n";
