// ThreadSanitizer builds only: DirectFB's own locking (static mutexes used
// before their initialisation at library load, locks handed between its
// threads, its system modules' buffers) is reported inside the library. The
// recorder's own threads and records are still checked.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libdirect-1.7.so.7\n"
           "called_from_lib:libdirectfb-1.7.so.7\n"
           "called_from_lib:libfusion-1.7.so.7\n"
           "mutex:direct_mutex_lock\n"
           "mutex:direct_mutex_unlock\n"
           "mutex:libdirectfb\n"
           "race:libdirect-1.7.so\n"
           "race:libdirectfb\n"
           "race:libfusion-1.7.so\n"
           "thread:direct_thread_init\n"
           "thread:libdirect-1.7.so\n";
}
