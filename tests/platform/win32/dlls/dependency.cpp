// A library that a client library imports: the launcher must find it in the client's own
// version directory.
extern "C" __declspec(dllexport) int korvel_dependency_answer()
{
    return 42;
}
