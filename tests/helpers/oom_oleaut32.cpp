// Test helper: an oleaut32.dll whose string allocator always fails, so that a test can run
// the build timer as if memory had run out. Loaded instead of the system's through a DLL
// override; exports only the two functions the timer imports.
extern "C" {

void* __stdcall SysAllocStringByteLen(const char*, unsigned) {
  return nullptr;
}

void __stdcall SysFreeString(void*) {}

}  // extern "C"
