// qel-recv: receives one GigE Vision stream through the adapter and reports it; --demo
// receives from the camera simulator started in this process.
#include <string>
#include <vector>

#include "recv_tool/app.h"

int main(int argc, char **argv) {
    return qel::recv_tool::run_tool(std::vector<std::string>(argv + 1, argv + argc));
}
