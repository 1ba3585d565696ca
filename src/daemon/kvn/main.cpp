// kvn: the daemon and its own control client.
int kvn_main(int argc, char **argv);

int main(int argc, char **argv)
{
    return kvn_main(argc, argv);
}
