#pragma once

class QScreen;

namespace dictaro {

// The screen the user works on: the one that holds most of the window with
// the keyboard focus, else the one under the pointer, else the primary one;
// none when there is no screen at all.
QScreen* mainScreen();

}  // namespace dictaro
