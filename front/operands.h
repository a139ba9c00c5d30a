#pragma once
// The command line's arguments that are not options, and what a user without a unit is told.
// Main thread, before the pass-through library is first loaded.

#include "front/options.h"

// The first operand that names an existing file (not a folder) is the image to play: it becomes
// CDDAPLAY_IMAGES, alone, for the pass-through library loaded afterwards. Every other operand is
// ignored with one line on standard error. False, after one line on standard error with the reason,
// when the named file cannot be played (it cannot be opened, or its name cannot be passed on);
// `image` is then the path, as it is when the file was taken, and null when no operand names a file.
bool take_image_operand(const Selection &selection, const char **image);

// One line on standard error after the described message when no unit was found: how to play an
// image; nothing when a CD-ROM device exists that this user may not open (the pass-through library
// has said which, and the group to join).
void hint_no_unit();
