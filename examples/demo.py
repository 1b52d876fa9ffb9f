"""A first look at tessaryn: single-qubit gates on a fresh register."""

from tessaryn import Tessaryn


def main():
    sim = Tessaryn(4)
    for q in range(4):
        sim.h(q)
        sim.s(q)
        sim.sdag(q)
        sim.h(q)
    print("applied H S S† H to 4 qubits:", sim)


if __name__ == "__main__":
    main()
