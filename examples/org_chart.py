"""A small typed model: people and companies, queried with pattern strings.

One query creates two nodes and the edge between them, and a path match
reads them back as rows of Node and Edge objects.
"""

from __future__ import annotations

import velkora as vk

PERSON = vk.Variable("Person")
COMPANY = vk.Variable("Company")
WORKS_FOR = vk.Term("works_for", vk.Application(PERSON, COMPANY))


def build() -> vk.Graph:
    graph = vk.Graph()
    (
        graph.query()
        .create(node="p", type=PERSON, properties={"name": "Alice"})
        .create(node="c", type=COMPANY, properties={"name": "Acme"})
        .create(edge="e", term=WORKS_FOR, start="p", end="c", properties={"since": 2020})
        .execute()
    )
    return graph


def employments(graph: vk.Graph) -> list[tuple[str, str, int]]:
    """(person, company, since) for every works-for edge."""
    found: list[tuple[str, str, int]] = []
    query = graph.query().match("(p:Person)-[e:$Person -> Company$]->(c:Company)")
    for row in query.return_("p", "e", "c"):
        since = row["e"].properties["since"]
        found.append((row["p"].properties["name"], row["c"].properties["name"], since))
    return found


def main() -> None:
    graph = build()
    print(graph)
    for person, company, since in employments(graph):
        print(f"{person} works for {company} since {since}")
    # Which type works for a company? The group captures the input type.
    schema = vk.TypeSchema("$(who:*) -> Company$")
    for name, captured in schema.capture(WORKS_FOR.type).items():
        print(f"{name} = {captured}")


if __name__ == "__main__":
    main()
