#pragma once

// Lets the tool hold open every part of a large numbered image set.
void raiseOpenFileLimit();
