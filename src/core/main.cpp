#include <QApplication>

// Placeholder entry point; the start-up sequence replaces it.
int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    return 0;
}
