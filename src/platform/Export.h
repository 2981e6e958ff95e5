#pragma once

// Marks the classes and functions that the shared library makes visible; everything
// else is built with hidden visibility.
#define QX_EXPORT __attribute__((visibility("default")))
