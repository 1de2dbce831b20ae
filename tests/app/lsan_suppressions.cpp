// The font configuration library keeps a few allocations of its own until the process ends; Qt's
// font database uses it. They are not ours to free, so the leak checker leaves them alone.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libfontconfig.so\n";
}
