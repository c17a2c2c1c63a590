// Fixed sizes of the user interface, shared with its tests.
#pragma once

constexpr int kTextBufferSize = 1024;       // one formatted box or progress text, NUL included
constexpr int kProgressTextId = 0xFFFF;     // the progress window's one control
constexpr int kProgressDrawLimit = 255;     // characters of the progress text that are drawn
