// getfile HOST DIR NAME: copies one remote file into the current directory.
#include "fileport/fileport_cli.h"

#include <string>
#include <vector>

int main(int argc, char** argv) {
    return voxa::fileport::RunGetFile(std::vector<std::string>(argv + 1, argv + argc), stdout, stderr);
}
