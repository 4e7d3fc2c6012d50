// What the shared library shows of itself. Everything else in it is hidden, so that a caller
// links only against what these headers declare.
#ifndef VELMO_EXPORT_H_
#define VELMO_EXPORT_H_

#if defined(_WIN32)
// On Windows callers reach the library through automation, never through these classes.
#define VELMO_EXPORT
#else
#define VELMO_EXPORT __attribute__((visibility("default")))
#endif

#endif  // VELMO_EXPORT_H_
