// cumulo-search: hands the embedded program image to the runtime.
#include <cstdlib>

#include "error_report.h"
#include "launch.h"

extern "C" const unsigned char cu_embedded_image[];

int main()
{
    cu::launcher::Environment env;
    env.display = std::getenv("DISPLAY");
    // Nothing thrown on the way (memory running out while paths or damaged
    // files are read) ends the launcher with "Aborted": it is a failed launch.
    try {
        env.executable = cu::launcher::executable_path();
        env.xdg_config_home = std::getenv("XDG_CONFIG_HOME");
        env.home = std::getenv("HOME");
        return cu::launcher::launch(env, cu_embedded_image);
    } catch (...) {
        cu::launcher::report_launch_error(env.display);
        return cu::launcher::kLaunchFailed;
    }
}
