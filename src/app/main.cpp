// Program entry of the service; the host object comes with the service subsystem.
int main() { return 0; }
