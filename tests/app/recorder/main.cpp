// Stands in for Updater in the click tests: writes where it was started and
// with what arguments to "updater-call.txt" in its working directory, then
// exits. No Qt, so it starts quickly and needs no display.
#include <filesystem>
#include <fstream>

int main(int argc, char *argv[])
{
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::path directory = fs::current_path(error);
    if (error)
        return 2;

    // Written under another name and renamed, so that a reader never sees
    // half a record.
    const fs::path partial = directory / "updater-call.txt.part";
    {
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << directory.string() << '\n' << (argc - 1) << '\n';
        for (int i = 1; i < argc; ++i)
            out << argv[i] << '\n';
        if (!out.flush())
            return 3;
    }
    fs::rename(partial, directory / "updater-call.txt", error);
    return error ? 4 : 0;
}
