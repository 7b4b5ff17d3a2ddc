#pragma once
// A serial port's termios as a Windows COM port behaves: a raw byte pipe whose line
// settings (speed, character size, stop bits, parity) are the driver's.

#include <termios.h>

#include "platform/SerialPort.h"

namespace zv::platform {

// No line discipline: no input or output processing, no echo, no signal or end-of-file
// characters, eight bits through unchanged, the receiver on and the modem status lines
// ignored, a read that returns as soon as one byte is there, and no software flow
// control (a Windows port has none unless asked). Hardware flow control and the line
// settings stay as they are.
void MakeRaw(termios& aSettings);

// Speed, character size, stop bits and parity of aLine on top of aSettings; stop bits
// above 2 and parity above 4 leave their bits as they are. False, with aSettings
// unchanged, for a speed or character size the port cannot take, and for one and a half
// stop bits with more than five data bits or two with five (as a Windows port refuses
// them).
bool SetLine(termios& aSettings, const SerialLine& aLine);

// Whether a port that reads back aKept took aAsked but for parity and character size,
// which a device without them ignores (a pseudo-terminal always carries eight bits).
bool KeptAllButParityAndSize(const termios& aAsked, const termios& aKept);

// Whether aDescriptor is the terminal side of a pseudo-terminal.
bool IsPseudoTerminal(int aDescriptor);

// Whether a setup whose tcsetattr failed with aError holds all the same. The C library
// reports EINVAL when parity or character size did not stick though the rest did: a
// pseudo-terminal can hold neither, but a real port that drops them has refused the
// setup, as has one that failed in any other way.
bool FailedSetupHolds(int aError, bool aPseudoTerminal, const termios& aAsked, const termios& aKept);

}  // namespace zv::platform
