// The core is built with every symbol hidden; what others may call is marked
// here, and nothing else leaves the shared object.
#ifndef CTALLOWICK_EXPORT_H
#define CTALLOWICK_EXPORT_H

#define CTALLOWICK_EXPORT __attribute__((visibility("default")))

#endif // CTALLOWICK_EXPORT_H
