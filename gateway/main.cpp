// ulmex-gateway: the daemon's entry.
int main()
{
    return 0;
}
