// cumulo-search: hands the embedded program image to the runtime.
#include <cstdlib>

#include "launch.h"

extern "C" const unsigned char cu_embedded_image[];

int main()
{
    cu::launcher::Environment env;
    env.executable = cu::launcher::executable_path();
    env.xdg_config_home = std::getenv("XDG_CONFIG_HOME");
    env.home = std::getenv("HOME");
    env.display = std::getenv("DISPLAY");
    return cu::launcher::launch(env, cu_embedded_image);
}
