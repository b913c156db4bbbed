// Process entry: the whole run lives in the interpreter module.
int Torvex_Main(int argc, char **argv);

int main(int argc, char **argv)
{
    return Torvex_Main(argc, argv);
}
