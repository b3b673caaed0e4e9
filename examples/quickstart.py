"""A first look at velkora: types, terms, application and uids."""

import velkora as vk

person = vk.Variable("Person")
company = vk.Variable("Company")
works_for = vk.Term("works_for", vk.Application(person, company))
alice = vk.Term("alice", person)

employer = works_for(alice)
print("types:", person, company, works_for.type)
print("applied:", employer, "of type", employer.type)
print("uid of Person:", person.uid())
print("uid of", works_for, ":", works_for.uid())
try:
    works_for(vk.Term("acme", company))
except TypeError as err:
    print("type error:", err)
