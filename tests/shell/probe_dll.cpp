// A DLL with nothing in it but its name, copied under other names into the
// places a DLL search may look.
extern "C" __declspec(dllexport) int TovixProbe() { return 7; }
