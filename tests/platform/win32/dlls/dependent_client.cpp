// A client whose entry function calls into a library of its own version directory, imported
// the ordinary way: it loads only when the system finds that library beside it.
extern "C" __declspec(dllimport) int korvel_dependency_answer();

extern "C" __declspec(dllexport) int korvel_entry(const wchar_t *)
{
    return korvel_dependency_answer();
}
