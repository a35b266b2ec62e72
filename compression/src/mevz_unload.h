/*
 * The library's unload hook. The libdeflate engine keeps a pool of
 * compressors, which goes back to the system when the library is unloaded:
 * on POSIX by a destructor (dlclose, or the process's exit); on Windows on
 * FreeLibrary only, since at process exit the other threads have been stopped
 * wherever they were, maybe inside the heap holding its lock, and freeing
 * then could hang the exit for memory the system takes back anyway. One
 * implementation file per OS (posix/, windows/), compiled into the library
 * with the engine.
 */
#ifndef MEVZ_UNLOAD_H
#define MEVZ_UNLOAD_H

/* Frees the engine's pool; defined by the libdeflate engine. */
void mevz_libdeflate_release(void);

#endif /* MEVZ_UNLOAD_H */
