#include "control/Commands.h"
#include "control/HostConfig.h"

namespace bastion {

int CheckConfigCommand(const std::string& path, std::ostream& out, std::ostream& err) {
    ConfigLoad load = LoadConfigFile(path);
    for (const ConfigProblem& problem : load.problems)
        err << problem.Describe() << '\n';
    if (!load.config) {
        err << path << ": " << load.problems.size()
            << (load.problems.size() == 1 ? " problem" : " problems") << '\n';
        return 1;
    }
    out << path << ": OK\n";
    return 0;
}

}  // namespace bastion
