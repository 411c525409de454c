// voxa_movie: authors and watches the movies of the render queue.
#include "queue/movie_tool.h"

#include <iostream>

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return voxa::queue::RunVoxaMovie(args, std::cout, std::cerr);
}
