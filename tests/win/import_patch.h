// Replaces, while the object lives, the address through which this program
// calls one function it imports from a DLL: the code under test still calls
// the Win32 function by its name, and the test sees every call and its
// arguments exactly as passed, without any seam in the code.
#pragma once

class ImportPatch {
public:
    ImportPatch(const char* dll, const char* function, void* replacement);
    ~ImportPatch();
    ImportPatch(const ImportPatch&) = delete;
    ImportPatch& operator=(const ImportPatch&) = delete;

    // False when the program does not import the function from that DLL.
    bool Applied() const { return slot_ != nullptr; }
    // The function that was there before, for calls the test passes on.
    void* Original() const { return original_; }

private:
    void** slot_ = nullptr;
    void* original_ = nullptr;
};

// The original function of a patch as a callable pointer of its own type.
template <typename Function>
Function OriginalOf(const ImportPatch& patch, Function)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(patch.Original()));
}
