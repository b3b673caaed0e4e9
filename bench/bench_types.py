"""Uid and hash costs of types and terms, against hashlib in the same run."""
import hashlib
import timeit

import velkora as vk


def per_call(stmt, number=200_000, **ns):
    best = min(timeit.repeat(stmt, globals=ns, number=number, repeat=5))
    return best / number * 1e9


def main():
    A = vk.Variable("A")
    ab = vk.Application(A, vk.Variable("B"))
    f = vk.Term("f", ab)
    rows = [
        ("hashlib.sha256(b'var:A').hexdigest()", per_call("sha(b'var:A').hexdigest()", sha=hashlib.sha256)),
        ("Variable('A').uid() (new object each call)", per_call("V('A').uid()", V=vk.Variable)),
        ("A.uid() (same object)", per_call("A.uid()", A=A)),
        ("Application.uid() (same object)", per_call("ab.uid()", ab=ab)),
        ("Term.uid()", per_call("f.uid()", f=f)),
        ("hash(Application)", per_call("hash(ab)", ab=ab)),
        ("hash(Term)", per_call("hash(f)", f=f)),
        ("Application == Application", per_call("ab == ab2", ab=ab, ab2=vk.Application(vk.Variable("A"), vk.Variable("B")))),
        ("Variable('A') construction", per_call("V('A')", V=vk.Variable)),
        ("f(x) term application", per_call("f(x)", f=f, x=vk.Term("x", A))),
    ]
    width = max(len(name) for name, _ in rows)
    for name, ns in rows:
        print(f"{name:<{width}}  {ns:8.1f} ns")


if __name__ == "__main__":
    main()
