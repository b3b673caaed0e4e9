"""A first look at velkora: types and terms, then the road of one query."""

import velkora as vk

# Types and terms
person = vk.Variable("Person")
company = vk.Variable("Company")
works_for = vk.Term("works_for", vk.Application(person, company))
employer = works_for(vk.Term("alice", person))
print("applied:", employer, "of type", employer.type)
print("uid of Person:", person.uid())
try:
    works_for(vk.Term("acme", company))
except TypeError as err:
    print("type error:", err)

# A graph, and a query bound to it
g = vk.Graph()
q = g.query()

# Builders only queue: create a Person node bound to p, then match Person nodes as n
q = q.create(node="p", type=person, properties={"name": "Alice"})
q = q.match("(n:Person)")
print("before running:", g)

# return_ runs the whole queue, then reads the bindings out as rows
rows = q.return_("p", "n")
print("after running: ", g)
for row in rows:
    print("row:", {name: (str(node), node.properties) for name, node in row.items()})
print("same properties dict:", rows[0]["p"].properties is g.nodes[rows[0]["p"].uid()].properties)

# Edges are filed by Python code; a path match binds start nodes, edges and end nodes
acme = vk.Node(company, {"name": "Acme"})
g.nodes[acme.uid()] = acme
job = vk.Edge(works_for, g.nodes[rows[0]["p"].uid()], acme)
g.edges[job.uid()] = job
for row in g.query().match("(a:Person)-[e]->(b:Company)").return_("a", "e", "b"):
    print("path:", row["a"].properties["name"], row["e"], row["b"].properties["name"])
