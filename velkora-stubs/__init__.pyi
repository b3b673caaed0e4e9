"""Type theoretical graph modelling in a native module.

This module exposes the core classes of the library: the type system,
graph components and query mechanisms.

# Classes Exposed

- `Variable`: Type variables
- `Application`: Application types (A -> B)
- `Term`: Typed terms
- `Node`: Graph nodes with types
- `Edge`: Graph edges with terms
- `Graph`: The main graph structure
- `TypeSchema`: Type pattern matching
- `NodePattern`, `EdgePattern`, `PathPattern`: Query patterns
- `Query`: Cypher-like query builder
- `Path`: Paths returned by Cypher queries
"""

from collections.abc import Iterator, Mapping
from typing import Any, Literal, final

from typing_extensions import TypeAlias

__all__ = [
    "Variable",
    "Application",
    "Term",
    "Node",
    "Edge",
    "Graph",
    "TypeSchema",
    "NodePattern",
    "EdgePattern",
    "PathPattern",
    "Query",
    "Path",
]

__version__: str

# Every type value is one of the two type classes.
_Type: TypeAlias = Variable | Application
# Properties dicts are plain dicts; the module reads them by str key.
_Properties: TypeAlias = dict[str, Any]
# One result row: variable name to a new Node or Edge object.
_Row: TypeAlias = dict[str, Node | Edge]
# The directions that matching and the parser use; any str is stored as given.
_Direction: TypeAlias = Literal["forward", "backward", "any"]

@final
class Variable:
    """Represents an atomic type variable.

    A variable is a named atomic type such as ``Person``; ``str(v)`` is its
    name. Variables are equal, and hash equally, when their names are equal.
    The ``name`` can be reassigned; types, terms and nodes built from the
    variable earlier keep the old name.

    Args:
        name: the name, any str (the empty string included).

    Raises:
        TypeError: ``name`` is not a str.

    Example::

        >>> Variable("Person")
        Variable("Person")
    """
    def __new__(cls, name: str) -> Variable: ...
    @property
    def name(self) -> str:
        """The name of this variable (a str).

        Assigning a str renames this object only; assigning anything else raises
        TypeError, and deleting raises AttributeError.
        """
    @name.setter
    def name(self, value: str) -> None: ...
    def uid(self) -> str:
        """Returns a unique identifier for this variable.

        Returns a str of 64 lowercase hex digits, the SHA-256 of "var:" and the
        name: equal variables have equal uids, in every process.
        """
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Application:
    """Represents a function type (application type).

    ``Application(A, B)`` is the type of functions from ``A`` to ``B`` and prints
    as ``(A -> B)``. Applications are equal, and hash equally, when their parts
    are equal; ``left`` and ``right`` give the parts back.

    Args:
        left: the input type, a Variable or Application.
        right: the output type, a Variable or Application.

    Raises:
        TypeError: "Expected Variable or Application" for any other argument.

    Example::

        >>> print(Application(Application(Variable("A"), Variable("B")), Variable("C")))
        ((A -> B) -> C)
    """
    def __new__(cls, left: _Type, right: _Type) -> Application: ...
    @property
    def left(self) -> _Type:
        """Gets the left (input) type of this application.

        Returns a new Variable or Application object on every read; changing it
        does not change this application. Read-only.
        """
    @property
    def right(self) -> _Type:
        """Gets the right (output) type of this application.

        Returns a new Variable or Application object on every read; changing it
        does not change this application. Read-only.
        """
    def uid(self) -> str:
        """Returns a unique identifier for this application.

        Returns a str of 64 lowercase hex digits, the SHA-256 of "app:", the left
        uid, ":" and the right uid: equal types have equal uids.
        """
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Term:
    """Represents a typed term in the type theory.

    A term is a name with a type; ``str(t)`` is ``name:type``. Terms are equal,
    and hash equally, when names and types are equal.

    Calling a term of a function type with a term of its input type,
    ``f(x)`` or ``f(other=x)``, returns the new term ``(f x)`` of the output
    type; ``f`` and ``x`` are unchanged. The call raises TypeError
    "Type mismatch: ..." when ``f``'s type is not a function type or ``x``'s
    type is not its input type, and TypeError when ``x`` is not a Term.

    Args:
        name: the name, any str.
        type: the type, a Variable or Application.

    Raises:
        TypeError: ``name`` is not a str, or ``type`` is not a Variable or
            Application ("Expected Variable or Application").

    Example::

        >>> A, B = Variable("A"), Variable("B")
        >>> f = Term("f", Application(A, B))
        >>> f(Term("x", A))
        Term("(f x)", B)
    """
    def __new__(cls, name: str, type: _Type) -> Term: ...
    @property
    def name(self) -> str:
        """The name of this term (a str).

        Assigning a str renames this object only (edges and applied terms built
        from it keep the old name); assigning anything else raises TypeError, and
        deleting raises AttributeError.
        """
    @name.setter
    def name(self, value: str) -> None: ...
    @property
    def type(self) -> _Type:
        """Gets the type of this term.

        Returns a new Variable or Application object on every read. Read-only.
        """
    def uid(self) -> str:
        """Returns a unique identifier for this term.

        The UID is constructed using SHA256 hash based on the term's name and type UID.
        Returns a str of 64 lowercase hex digits: equal terms have equal uids.
        """
    def __call__(self, other: Term) -> Term: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...

@final
class Node:
    """Represents a node in the graph (a type in the model).

    Fields:
        type: the node's type (a Variable or Application)
        properties: a dict held by reference (a new empty dict when omitted)

    The node's uid depends on its type alone, so a graph files at most one
    node per type. Nodes compare by identity.

    Args:
        type: a Variable or Application; the node keeps its own copy.
        properties: a dict (or dict subclass), or None for a new empty dict.
            The very dict is kept, never copied.

    Raises:
        TypeError: ``properties`` is not a dict or None (checked first), or
            ``type`` is not a Variable or Application.

    Example::

        >>> Node(Variable("Person"), {"name": "Alice"})
        Node(Person)
    """
    def __new__(cls, type: _Type, properties: _Properties | None = None) -> Node: ...
    @property
    def type(self) -> _Type:
        """Gets the type of this node.

        Returns a new Variable or Application object on every read. Read-only.
        """
    @property
    def properties(self) -> _Properties:
        """The properties dict of this node: the very dict object, never a copy.

        Assign a dict (or dict subclass) to replace it; assigning anything else,
        None included, raises TypeError, and deleting raises AttributeError.
        """
    @properties.setter
    def properties(self, value: _Properties) -> None: ...
    def uid(self) -> str:
        """Returns a unique identifier for this node.

        The UID is based on the node's type UID using SHA256. Returns a str of
        64 lowercase hex digits; nodes of equal type have the same uid, whatever
        their properties.
        """

@final
class Edge:
    """Represents an edge in the graph (a typed term in the model).

    Fields:
        term: the edge's term; its type should be the function type from the
            start node's type to the end node's type (not checked)
        start: the start node (a snapshot taken at construction)
        end: the end node (a snapshot taken at construction)
        properties: a dict held by reference (a new empty dict when omitted)

    The edge's uid depends on its term alone. Edges compare by identity.

    Args:
        term: a Term; the edge keeps its own copy.
        start: the start Node; the edge keeps a snapshot of it.
        end: the end Node, kept the same way.
        properties: a dict (or dict subclass), or None for a new empty dict.

    Raises:
        TypeError: ``properties`` is not a dict or None (checked first),
            ``term`` is not a Term, or ``start`` or ``end`` is not a Node.

    Example::

        >>> A, B = Variable("A"), Variable("B")
        >>> Edge(Term("f", Application(A, B)), Node(A), Node(B))
        Edge(f: A -> B)
    """
    def __new__(
        cls, term: Term, start: Node, end: Node, properties: _Properties | None = None
    ) -> Edge: ...
    @property
    def term(self) -> Term:
        """Gets the term of this edge.

        Returns a new Term object on every read. Read-only.
        """
    @property
    def start(self) -> Node:
        """Gets the starting node of this edge.

        Returns a new Node on every read, sharing the properties dict the node
        had when the edge was built. Read-only.
        """
    @property
    def end(self) -> Node:
        """Gets the ending node of this edge.

        Returns a new Node on every read, sharing the properties dict the node
        had when the edge was built. Read-only.
        """
    @property
    def properties(self) -> _Properties:
        """The properties dict of this edge: the very dict object, never a copy.

        Assign a dict (or dict subclass) to replace it; assigning anything else,
        None included, raises TypeError, and deleting raises AttributeError.
        """
    @properties.setter
    def properties(self, value: _Properties) -> None: ...
    def uid(self) -> str:
        """Returns a unique identifier for this edge.

        The UID is based on the edge's term UID using SHA256. Returns a str of
        64 lowercase hex digits; edges with equal terms have the same uid, whatever
        their end points and properties.
        """

@final
class Graph:
    """Represents a type theoretical theory model as a graph.

    Fields:
        nodes: Dictionary mapping node UIDs to Node objects
        edges: Dictionary mapping edge UIDs to Edge objects

    Both are plain dicts that Python code reads and writes directly: file a
    node under ``node.uid()`` and an edge under ``edge.uid()``. Queries made
    with ``query()`` share the two dicts, so what a query creates or deletes
    shows here at once. Takes no arguments (TypeError otherwise).

    ``copy.copy`` gives a second Graph over the same two dicts, as for any
    object holding two dicts; ``copy.deepcopy`` and pickle copy the dicts
    and everything in them.

    Example::

        >>> Graph()
        Graph(0 nodes, 0 edges)

    In general the text form is ``Graph(X nodes, Y edges)``.
    """
    def __new__(cls) -> Graph: ...
    @property
    def nodes(self) -> dict[str, Node]:
        """Dictionary mapping node UIDs to Node objects (the very dict, shared with every query).

        The attribute is read-only; the dict itself may be changed freely.
        """
    @property
    def edges(self) -> dict[str, Edge]:
        """Dictionary mapping edge UIDs to Edge objects (the very dict, shared with every query).

        The attribute is read-only; the dict itself may be changed freely.
        """
    # Rows of a Cypher query: column name to a value (new Node and Edge
    # objects, stored property values, lists and dicts the query built);
    # [] for a query ending in a write.
    def cypher(
        self, query: str, parameters: Mapping[str, Any] | None = None, /, **kwparameters: Any
    ) -> list[dict[str, Any]]:
        """Runs a Cypher query over this graph and returns its rows.

        ``query`` is openCypher text (keywords in any case, ``//`` and ``/* */``
        comments); the result is a list with one dict per row, its keys the
        RETURN items' aliases (else the items' text as written), in order; for
        ``RETURN *`` the variables in the order the query introduced them.
        Parameters ``$name`` are read from the ``parameters`` mapping and the
        keyword arguments (a keyword wins). Parsed and planned queries are kept
        by their text (the 256 used last), so a repeated query costs no parse.

        The graph as Cypher sees it:

        - Nodes are the values of ``nodes``, relationships those of ``edges``. A
          relationship runs from the node filed under its start's uid to the node
          filed under its end's uid (the edge's own copy of the node where none
          is filed). Identity is the uid: ``a = b``, joins and DISTINCT compare
          uids.
        - A node label is a type: ``(n:Person)`` is the node of type
          ``Person``, ``(n:`(A -> B)`)`` the node of that printed type, and
          ``(n:$* -> bool$)`` the nodes whose type the TypeSchema matches;
          ``:A|B`` either, ``:A:B`` both.
        - A relationship type is a term name: ``-[r:works_for]->`` is an edge
          whose term is named ``works_for``; ``-[r:$Person -> Company$]->`` one
          whose term's type the schema matches (the builder's pattern strings
          read ``[e:T]`` as a schema instead).
        - Property maps in patterns compare with ``=``, so ``{k: null}``
          matches nothing. Python values of Cypher's kinds are Cypher values
          (``tuple`` reads as a list, a ``dict`` of str keys as a map); any other
          value is equal to another when ``==`` says so, never less or greater,
          and sorts after every Cypher value but null.

        Supported: MATCH (comma-separated patterns; several MATCH clauses join
        on their shared variables), OPTIONAL MATCH, WHERE, WITH, UNWIND, RETURN
        [DISTINCT] with aliases and ``*``, ORDER BY, SKIP, LIMIT, UNION [ALL],
        openCypher's expressions, scalar functions and aggregates (``count``,
        ``sum``, ``avg``, ``min``, ``max``, ``collect``, ``stDev``, ``stDevP``,
        ``percentileCont``, ``percentileDisc``), and velkora's ``uid(x)``,
        ``term(r)`` and ``typeof(x)``. Relationships are unique within one MATCH
        clause.

        Writing: CREATE, MERGE, SET, REMOVE, DELETE and DETACH DELETE, under the
        model (a node is its type, one per type; an edge is a term, one per
        term). A node to create or merge names exactly one type (one label: a
        name, a backquoted printed type or a ``$...$`` schema naming one type);
        a relationship to create names one term and has a direction, and its
        term is of the function type from its start's type to its end's type:
        ``CREATE (p:Person)-[:works_for]->(c:Company)`` files the term
        ``works_for : (Person -> Company)``. CREATE refuses a node or an edge
        whose uid is filed (or created twice by the query). MERGE finds a node
        by its type's uid and a relationship by its term's uid (either way
        round when the pattern has no direction), whatever their properties,
        and then sets the pattern's properties on what it found; otherwise it
        creates. A MERGE path is merged element by element (openCypher creates
        a whole path unless it matches whole, which under one node per type
        would refuse every node already filed): ON CREATE SET runs when some
        element was created, ON MATCH SET when all were found. ``SET x.k = v``,
        ``SET x += map`` and ``SET x = map`` (the same dict object, emptied and
        refilled) work on nodes and relationships; a null value removes the key,
        a null in a CREATE or MERGE map stores nothing; a node or relationship
        is no property value. Labels cannot be set or removed. DELETE refuses a
        node that an edge still joins (an edge whose start or end uid is the
        node's) when the query ends, so ``DELETE n, r`` works in either order;
        DETACH DELETE deletes those edges too; deleting twice is no error; a
        path is deleted as its relationships and its nodes.
        Each writing clause takes every row of the clause before it, makes its
        writes row by row (a MERGE finds what an earlier row created), and only
        then passes the rows on, so later clauses see all its writes. A query
        ending in a write returns ``[]``. All or nothing: when a query fails (a
        refusal, a TypeError, an error raised by user code, an interrupt) it
        raises that error and ``nodes``, ``edges`` and every properties dict it
        wrote are as before, the same objects in the same order (an undo log;
        a query that only reads keeps none).

        Paths: ``-[r*]->``, ``-[r*3]->``, ``-[r*1..3]->``, ``-[r*..3]->`` and
        ``-[r*2..]->`` in any direction, with types and property maps that every
        relationship of the walk must pass, bind ``r`` to the list of the
        relationships in pattern order (``*0..`` allows a walk of none: both
        node patterns are then one node); walks are depth first, each before its
        extensions, with no recursion on the C stack, and relationship uniqueness
        keeps every one finite. ``p = (a)-[*1..3]->(b)`` binds a path, read by
        ``nodes(p)``, ``relationships(p)`` and ``length(p)``, equal to another by
        the uids of its elements, and returned as a ``velkora.Path``.
        ``shortestPath((a)-[*]-(b))`` and ``allShortestPaths(...)`` search breadth
        first between their two nodes (bound before, or matched from ``nodes``),
        with a lower bound of 0 or 1 (another is refused) and one node at both
        ends only with a lower bound of 0 (ValueError otherwise, as in Neo4j).
        A pattern in WHERE, ``(a)-[:knows]->(b)`` or ``NOT (a)-->(b)``, and
        ``exists { MATCH ... WHERE ... }`` are true when a match exists for the
        row; ``[(a)-->(b) WHERE ... | b.name]`` lists one value per match.

        Results: a node comes back as a new Node object and a relationship as a
        new Edge object, sharing the stored properties dicts; a property's value
        is the stored object itself; lists and maps the query builds are new
        lists and dicts. Without ORDER BY the rows come in the engine's own
        order, deterministic but not promised: today, nodes in ``nodes`` order,
        edges in ``edges`` order (both directions of an undirected relationship
        start to end first), groups in the order first met.

        Raises:
            ValueError: "Invalid query: <what> at line L, column C" followed by
                the line and a caret, for a syntax error, an undefined variable,
                a misplaced aggregate, a missing parameter, or a form not
                supported yet, checked before anything runs; a node or edge
                CREATE finds filed, a deleted node still joined by an edge.
            TypeError: an operator or function given values of the wrong kinds,
                ``query`` not a str or ``parameters`` not a mapping.
            ZeroDivisionError: integer ``/`` or ``%`` by zero.

        Example::

            >>> g = Graph()
            >>> g.cypher("RETURN 1 + 2 AS x")
            [{'x': 3}]
        """
    def query(self) -> Query:
        """Creates a new query builder for this graph.

        Returns a new, empty Query that shares this graph's nodes and edges
        dicts; every call gives an independent query.
        """
    # A networkx.MultiDiGraph; typed loosely so that the stubs need neither
    # NetworkX nor its type stubs.
    def to_networkx(self) -> Any:
        """Returns the graph as a networkx.MultiDiGraph.

        One node per entry of ``nodes``, keyed by its key, with the node's
        properties and the attributes ``type`` (the node's type) and ``label``
        (its text form); one edge per entry of ``edges``, from its start node's
        uid to its end node's uid, keyed by its key, with the edge's properties
        and ``term`` (the edge's Term) and ``label`` (the term's name). These
        attributes win over properties of the same names; property values are
        shared, not copied. An end point that is not filed in ``nodes`` under its
        uid is added from the edge's copy of it.

        Raises:
            ImportError: NetworkX is not installed (``pip install
                'velkora[networkx]'``); it is imported on the first call.
            TypeError: a value of ``nodes`` is not a Node, or one of ``edges``
                is not an Edge.
        """
    def to_dot(self) -> str:
        """Returns the graph as Graphviz DOT text.

        A ``digraph`` with one node per entry of ``nodes`` (its key as the node
        id, labelled with its type) and one edge per entry of ``edges`` (from its
        start node's uid to its end node's uid, labelled with the term's name);
        an end point not filed in ``nodes`` under its uid gets a node of its own.
        Every id and label is quoted and escaped. Render it with Graphviz, for
        instance ``dot -Tpng graph.dot -o graph.png``.

        Raises:
            TypeError: a key of ``nodes`` is not a str, a value of ``nodes`` is
                not a Node, or one of ``edges`` is not an Edge.
        """
    # (query, parameters) pairs for an openCypher client.
    def to_cypher(self, batch_size: int = 1000) -> Iterator[tuple[str, dict[str, Any]]]:
        """Returns an iterator of (query, parameters) pairs that build the graph in a
        graph database.

        Run in order through an openCypher client, in an empty database, the
        statements make one database node per entry of ``nodes`` (and per end
        point of an edge that no entry holds), with the labels ``Type`` and the
        node's type as printed, and one relationship per entry of ``edges``, of
        the term's name as its type; each holds its properties, its uid in a
        property ``uid``, and a relationship its term's type as printed in
        ``term_type``::

            for query, parameters in graph.to_cypher():
                session.run(query, parameters)   # Neo4j's driver; FalkorDB's:
                # falkordb_graph.query(query, parameters)

        Each statement holds up to ``batch_size`` elements, nodes first, then
        edges, every batch full but the last (an empty graph yields nothing).
        Labels and relationship types can only be written into a statement, so
        a batch is one statement of many patterns, its values in parameters: a
        ``CREATE`` of every element, then a ``SET`` of each one's properties from
        its parameter map (FalkorDB takes no parameter map inside a ``CREATE``
        pattern). Edges find the ends that their batch does not create by
        ``uid``::

            CREATE (n0:Type:`Person`), (n1:Type:`Company`) SET n0 = $n0, n1 = $n1
            MATCH (v0:Type {uid: $v0}), (v1:Type {uid: $v1})
            CREATE (v0)-[r0:`works_for`]->(v1) SET r0 = $r0

        with parameters such as ``{"n0": {"name": "Alice", "uid": "..."}, ...}``.
        Labels and relationship types are backquoted, a backquote in them
        doubled. An index on ``:Type(uid)`` keeps the matching of ends linear;
        create it first:

        - Neo4j 5: ``CREATE INDEX type_uid IF NOT EXISTS FOR (n:Type) ON (n.uid)``
        - FalkorDB: ``CREATE INDEX FOR (n:Type) ON (n.uid)``
        - Memgraph: ``CREATE INDEX ON :Type(uid)``

        Property values go over as Neo4j, Memgraph and FalkorDB all store them:
        ``bool``, ``int`` within 64 bits, ``float``, ``str``, and lists (or
        tuples) of one of those kinds, empty ones included, each as a new list;
        an instance of a subclass of ``int``, ``float`` or ``str`` as a plain
        one. A property whose value is None is left out: a database holds no
        null property. Anything else raises ValueError, naming the node or edge
        and the key, before the batch that holds it is yielded: a map, a list of
        lists, of maps, of mixed kinds or with a null item (Neo4j stores none of
        them), an int outside 64 bits, a str with a lone surrogate, a value of
        no Cypher kind (bytes, a Node, a Decimal), a property key that is not a
        str, a node property named ``uid``, an edge property named ``uid`` or
        ``term_type``, and an empty label or relationship type (a type or term
        named ``""``). FalkorDB (4.22, as falkordblite 0.11 embeds it) has
        limits of its own beside these: its parser takes no backquote inside a
        name, its Python client sends no NaN or infinite float and no backquote
        in a property key, it keeps 15 significant digits of a float, and it
        refuses a str holding NUL. A type printed ``Type`` gives its nodes the
        one label ``Type``.

        The graph's entries are taken when this is called: later changes to
        ``nodes`` and ``edges`` do not reach the iterator. Each element's
        properties are read when its batch is made, and a properties dict that
        changes size meanwhile raises RuntimeError. After an error the
        iterator is exhausted, as a generator is.

        Args:
            batch_size: a positive int, the most elements one statement holds.

        Raises:
            TypeError: ``batch_size`` is not an int; a value of ``nodes`` is not
                a Node, or one of ``edges`` is not an Edge.
            ValueError: ``batch_size`` is not positive; two entries of ``nodes``
                hold nodes of one uid; and, from the iterator, what no database
                stores (above).
        """

@final
class TypeSchema:
    """Represents a regex-like pattern for matching types.

    Forms:

    - wildcards: ``$*$`` matches any type;
    - specific variables: ``$Person$`` (or plain ``Person``) matches the
      variable named Person;
    - application patterns: ``$A -> B$`` matches the function type from A
      to B; arrows group to the right;
    - capture groups: ``$(name:pattern)$`` matches what ``pattern`` matches
      and captures the matched type under ``name``;
    - grouping: parentheses without a name only group, so ``$(A -> B) -> C$``
      matches the function type from ``(A -> B)`` to ``C``.

    The text is not validated: a malformed schema matches nothing.

    Raises:
        TypeError: ``pattern`` is not a str.

    Example::

        >>> A, B = Variable("A"), Variable("B")
        >>> TypeSchema("$(f:A -> *)$").capture(Application(A, B))
        {'f': Application(A, B)}
    """
    def __new__(cls, pattern: str) -> TypeSchema: ...
    @property
    def pattern(self) -> str:
        """The schema text, exactly as given."""
    def matches(self, type: _Type) -> bool:
        """Checks if a type matches this schema.

        Returns True or False; a type that is not a Variable or Application
        raises TypeError.
        """
    def capture(self, type: _Type) -> dict[str, _Type]:
        """Captures variables from a type that matches this schema.

        Returns a new dict from capture names to the captured types; empty when
        the type does not match or the schema has no capture groups. A type
        that is not a Variable or Application raises TypeError.
        """

# In the constructors below a schema argument that is neither a str nor a
# TypeSchema is accepted and ignored at runtime; only those two are typed.

@final
class NodePattern:
    """Represents a node pattern in a Cypher-like query.

    Fields:

    - variable: the name matched nodes are bound to, or None;
    - type: a Variable or Application the node's type must equal;
    - type_schema: a schema (str or TypeSchema) the node's type must match;
      any other object is ignored;
    - properties: a dict of values the node's properties must equal (==).

    Raises:
        TypeError: ``variable`` is not a str or None, ``type`` is not a
            Variable or Application, or ``properties`` is not a dict or has a
            key that is not a str.

    Example::

        >>> NodePattern("n", type_schema="$Person$", properties={"age": 30})
        NodePattern(variable=Some("n"))
    """
    def __new__(
        cls,
        variable: str | None = None,
        type: _Type | None = ...,
        type_schema: str | TypeSchema | None = None,
        properties: _Properties | None = None,
    ) -> NodePattern: ...
    @property
    def variable(self) -> str | None:
        """The variable name matched nodes are bound to (a str), or None."""

@final
class EdgePattern:
    """Represents an edge pattern in a Cypher-like query.

    Fields:

    - variable: the name matched edges are bound to, or None;
    - term: a Term the edge's term must equal;
    - term_type_schema: a schema (str or TypeSchema) for the type of the
      edge's term; any other object is ignored;
    - properties: a dict of values the edge's properties must equal;
    - direction: "forward" (the default), "backward", or "any".

    Raises:
        TypeError: ``variable`` is not a str or None, ``term`` is not a Term,
            ``properties`` is not a dict or has a key that is not a str, or
            ``direction`` is not a str.

    Example::

        >>> EdgePattern("e", direction="any")
        EdgePattern(variable=Some("e"), direction=any)
    """
    def __new__(
        cls,
        variable: str | None = None,
        term: Term | None = None,
        term_type_schema: str | TypeSchema | None = None,
        properties: _Properties | None = None,
        # Any str is stored unchecked; only these three mean something.
        direction: _Direction = ...,
    ) -> EdgePattern: ...
    @property
    def variable(self) -> str | None:
        """The variable name matched edges are bound to (a str), or None."""
    @property
    def direction(self) -> str:
        """The direction: "forward", "backward" or "any"."""

@final
class PathPattern:
    """Represents a path pattern in a Cypher-like query.

    A chain of node patterns joined by edge patterns, edge k standing between
    node k and node k + 1. Without ``pattern`` the path is empty; with a str
    it is parsed as by ``PathPattern.parse``.

    Raises:
        TypeError: ``pattern`` is not a str or None.
        ValueError: the pattern string is malformed.

    Example::

        >>> PathPattern("(n:Person)-[e:$Person -> Company$]->(m:Company)")
        PathPattern(2 nodes, 1 edges)
    """
    def __new__(cls, pattern: str | None = None) -> PathPattern: ...
    @staticmethod
    def parse(pattern: str) -> PathPattern:
        """Parses a Cypher-like pattern string into a PathPattern.

        Nodes are written ``(variable:Type {key: value, ...})``, edges
        ``-[variable:Type {...}]->``, ``<-[...]-`` or ``-[...]-``, each part
        optional; an edge's type is its term's type (a function type such as
        ``$A -> B$``), and a type containing ``$`` is taken as a schema as it is. A
        property map's keys are names, or any text in backquotes; its values are
        numbers, strings in single or double quotes (escapes \\\\ \\' \\" \\n \\t),
        true, false, null and lists ``[...]``. An edge's variable may name nothing
        else in the path. Returns a new PathPattern.

        Raises:
            TypeError: ``pattern`` is not a str.
            ValueError: "Invalid pattern '...': reason" for a malformed pattern.
        """
    def add_node(self, pattern: NodePattern) -> PathPattern:
        """Adds a node pattern to the path.

        Appends a copy of ``pattern`` to this path and returns a new PathPattern
        copied from it; later additions to either are not seen by the other.

        Raises:
            TypeError: ``pattern`` is not a NodePattern.
        """
    def add_edge(self, pattern: EdgePattern) -> PathPattern:
        """Adds an edge pattern to the path.

        Appends a copy of ``pattern`` to this path and returns a new PathPattern
        copied from it; later additions to either are not seen by the other.

        Raises:
            TypeError: ``pattern`` is not a EdgePattern.
        """
    @property
    def nodes(self) -> list[NodePattern]:
        """The node patterns in order: a new list of new objects on every read."""
    @property
    def edges(self) -> list[EdgePattern]:
        """The edge patterns in order: a new list of new objects on every read."""

@final
class Query:
    """Cypher-like query builder for the graph.

    Fields:
        graph: the graph's nodes and edges dicts (shared, never copied)
        matched_vars: variable bindings filled when the query runs
        operations: the queued clauses, in call order

    Clause methods queue one operation and return a new query copied from
    this one; return_, return_distinct, return_count and execute run the
    whole queue against the graph.

    Args:
        graph: a Graph; ``graph.query()`` makes the same query.

    Raises:
        TypeError: ``graph`` is not a Graph.

    Example::

        >>> g = Graph()
        >>> Query(g).create(node="p", type=Variable("Person")).return_("p")
        [{'p': Node(Person)}]
    """
    def __new__(cls, graph: Graph) -> Query: ...
    # match() also accepts a Node (or anything else) as start or end, and
    # ignores it; only variable names bind anything. A path binds each named
    # node and edge once per match, following each edge's direction; in the
    # edge form a start or end name already bound to nodes keeps only the
    # edges at those nodes.
    def match(
        self,
        pattern: str | None = None,
        *,
        node: str | None = None,
        edge: str | None = None,
        start: str | None = None,
        end: str | None = None,
        type: _Type | None = ...,
        type_schema: str | TypeSchema | None = None,
        term: Term | None = None,
        term_type_schema: str | TypeSchema | None = None,
        properties: _Properties | None = None,
    ) -> Query:
        """Matches nodes, edges, or paths in the graph.

        Args:
            pattern: a pattern string such as "(n:Person)-[e]->(m:Company)"
            node: variable name for a single node
            edge: variable name for a single edge
            start: optional start node (variable name)
            end: optional end node (variable name)
            type: exact node type (node criterion)
            type_schema: type schema for the node's type (node criterion)
            term: exact term (edge criterion)
            term_type_schema: type schema for the edge term's type (edge criterion)
            properties: dictionary of required properties

        The first of pattern, node and edge that is given selects the form.

        A path binds each named node and edge once per match. Edge i joins
        node i and node i + 1: ``-[e]->`` from its start node to its end node,
        ``<-[e]-`` from its end node to its start node, ``-[e]-`` either way
        (forward first; a self-loop once). A match uses distinct edges, each
        passing its edge pattern, consecutive edges meeting at nodes of the same
        uid; matches come in the order of ``graph.edges``, step by step. A node
        name used twice needs the same node at both places and is bound where
        it first appears. Property maps such as ``(n {name: 'Alice'})`` must be
        held by the properties (==).

        The node form binds the matching nodes. The edge form binds ``edge`` to
        the edges passing ``term``, ``term_type_schema`` and ``properties``, and
        ``start`` and ``end`` to their start and end nodes; a ``start`` or ``end``
        name already bound keeps only the edges at its nodes, and one name for
        both keeps only the edges from a node to itself.

        Returns a new Query; nothing runs until return_, return_count or execute.

        Raises:
            TypeError: ``pattern``, ``node`` or ``edge`` is not a str or None,
                ``properties`` is not a dict or has a key that is not a str,
                ``type`` is not a Variable or Application, or ``term`` is not
                a Term.
            ValueError: the pattern string is malformed, its nodes are not all
                joined by edges, an edge's name names anything else (in a
                path, or ``start`` or ``end`` in the edge form), or an edge has
                a ``*`` length (``-[e*1..3]->``, ``-[*]->``, ``-[:T*2]->``):
                variable-length relationships are read by ``Graph.cypher()``.
                A ``*`` in a type schema (``-[e:* -> *]->``) is a wildcard.
        """
    # The edge forms of create() and merge() take start and end as variable
    # names. create() needs term there too; that is checked when the query
    # runs, so the parameter stays optional here.
    def create(
        self,
        pattern: str | None = None,
        *,
        node: str | None = None,
        edge: str | None = None,
        type: _Type | None = ...,
        term: Term | None = None,
        start: str | None = None,
        end: str | None = None,
        properties: _Properties | None = None,
    ) -> Query:
        """Queues the creation of nodes or edges and returns a new Query.

        The first of pattern, node and edge that is given selects the form:
            node: variable name bound to a new node of ``type`` whose
                properties dict holds ``properties``; it is filed under its
                uid, replacing the node of that type
            pattern: a pattern string of one node such as
                "(p:Person {name: 'Al'})"; its label must name exactly one
                type ("Person", "A -> B"), and a node of that type holding
                the map's properties is created and bound
            edge: variable name bound to new edges of ``term`` from the
                nodes bound to ``start`` to the nodes bound to ``end`` (both
                variable names). Lists of equal length pair by position; a
                list of one node pairs it with every node of the other.
                Each edge gets a properties dict of its own holding
                ``properties`` and is filed under its uid (edges of one term
                share a uid, so the last one made stays filed). ``start``,
                ``edge`` and ``end`` are then bound to the paired nodes and
                the new edges, position by position.

        An operation checks everything before it writes: a create that fails
        when the query runs changes nothing.

        Raises:
            TypeError: ``pattern``, ``node`` or ``edge`` is not a str or None,
                ``properties`` is not a dict or has a key that is not a str,
                ``type`` is not a Variable or Application, or ``term`` is not
                a Term.
            ValueError: the pattern string is malformed, has nodes not
                joined by edges or an edge with a ``*`` length (as for
                ``match``), or in the edge form ``start`` or ``end`` is
                missing or not a str.
            When the query runs:
            ValueError: a node has no type and no label naming one, a label
                names no one type (a wildcard), an edge has no term (pattern
                strings carry none, so a path with an edge always fails), the
                lists cannot be paired, or ``start`` or ``end`` is bound to an
                edge.
            NameError: ``start`` or ``end`` is not bound.

        Example::

            >>> g = Graph()
            >>> f = Term("f", Application(Variable("A"), Variable("B")))
            >>> q = g.query().create("(a:A)").create("(b:B)")
            >>> q.create(edge="e", term=f, start="a", end="b").return_("e")
            [{'e': Edge(f: A -> B)}]
        """
    def merge(
        self,
        pattern: str | None = None,
        *,
        node: str | None = None,
        edge: str | None = None,
        type: _Type | None = ...,
        type_schema: str | TypeSchema | None = None,
        term: Term | None = None,
        term_type_schema: str | TypeSchema | None = None,
        start: str | None = None,
        end: str | None = None,
        properties: _Properties | None = None,
    ) -> Query:
        """Queues a merge: binds an existing node or edge, or creates it.

            node: variable name. Without ``type``, a ``type_schema`` that
                names exactly one type stands for it. The graph's nodes of
                that type (every node when there is none) are collected, then
                tested against ``type``, ``type_schema`` and ``properties``;
                the first that passes is appended to the variable's bindings.
                When none passes and there is a type, the node filed under
                the type's uid takes ``properties`` on top of its own (as
                ``set`` does), or, when there is none, the node is created as
                by ``create``; the variable's list becomes that one node.
                Without a type nothing is created.
            edge: variable name. The first edge from the first node bound to
                ``start`` to the first node bound to ``end`` (variable names)
                is appended to the variable's bindings. With ``term``, only an
                edge of that term (whose term matches ``term_type_schema`` and
                whose properties hold ``properties``, when given) counts, and
                when none does, one is created between those two nodes as by
                ``create`` and the variable's list becomes that edge. Nothing
                happens when a list is empty, nor without ``term`` when a name
                is unbound or bound to an edge first.

        ``pattern`` is accepted and ignored: a merge has no path form. Returns
        a new Query.

        Raises:
            TypeError: ``pattern``, ``node`` or ``edge`` is not a str or None,
                ``properties`` is not a dict or has a key that is not a str,
                ``type`` is not a Variable or Application, or ``term`` is not
                a Term.
            ValueError: in the edge form ``start`` or ``end`` is missing or
                not a str, or ``pattern`` has an edge with a ``*`` length (as
                for ``match``).
            When the query runs:
            TypeError: an entry of ``nodes`` (``edges``) is not a Node (Edge).
            NameError: with ``term``, ``start`` or ``end`` is not bound.
            ValueError: with ``term``, ``start`` or ``end`` is bound to an
                edge first.

        Example::

            >>> g = Graph()
            >>> q = g.query().merge(node="c", type_schema="$Company$",
            ...                     properties={"name": "Acme"})
            >>> q.return_("c"), q.return_("c")
            ([{'c': Node(Company)}], [{'c': Node(Company)}, {'c': Node(Company)}])
        """
    def set(self, variable: str, properties: _Properties) -> Query:
        """Queues setting properties on the nodes and edges bound to a variable.

        When the query runs, every entry of ``properties`` is stored into the
        properties dict of each node and edge bound to ``variable`` (merged,
        not replaced): the dicts the graph's objects hold. Unbound names are
        passed over. The dict is read when the query runs, not now. Returns a
        new Query.

        Raises:
            TypeError: ``variable`` is not a str or ``properties`` is not a dict.
        """
    def delete(self, *variables: str, detach: bool = False) -> Query:
        """Queues deleting the nodes and edges bound to the given variables.

        When the query runs, each bound node or edge is removed from the graph
        by its uid; the bindings stay, so return_ still shows them. With
        detach=True, edges attached to a deleted node are deleted too. Names
        are separate arguments: ``delete("a", "b")``. Returns a new Query.

        Raises:
            TypeError: a name is not a str, or ``detach`` is not a bool.
        """
    # where() parses its condition at once and raises ValueError for a
    # malformed one; the shaping clauses act when the query runs.
    def where(self, condition: str) -> Query:
        """Adds a WHERE clause to filter results.

        Args:
            condition: a condition over bound variables, such as
                "n.age >= 18 AND n:Person"

        The condition is parsed now. When the query runs, every variable it
        names must be bound, all by the same match, create or merge; it is
        evaluated at each position of their lists, and the positions where it
        is not true are removed from every list bound with them. A condition
        naming no variable is evaluated once and, unless true, empties every
        list. Returns a new Query.

        The language is the expressions of Graph.cypher() (keywords and
        function names in any case): literals, v.key and v.`any key` (null
        when missing), a variable itself (a Node or Edge object, equal to
        another of the same uid), operators, functions, CASE, comprehensions
        and list predicates; != is read as <>. Comparisons are openCypher's:
        1 = 1.0 is true, 1 = true false, values of different kinds ('a' < 1)
        or of no Cypher kind (a Decimal) are never ordered (null), null IN []
        is false and 1 IN [null] null. Three rules are the builder's own:
        v:Label and v:$schema$ are type tests, as in pattern strings (an edge
        tests its term's type); a value that is not a boolean is null as a
        condition (Graph.cypher() raises TypeError); and x IN y with y no list
        is null. Property maps and order_by keep Python's == and ordering.
        AND, OR, XOR and NOT are three-valued, operands evaluated left to
        right; AND stops at the first false, OR at the first true.

        Raises:
            TypeError: ``condition`` is not a str.
            ValueError: the condition is malformed, nests more than 500 levels,
                or holds a parameter, a pattern or an aggregate (nothing is
                queued).
            When the query runs: NameError for a variable that is not bound,
            ValueError for variables bound by separate clauses, TypeError for
            operands of the wrong kinds (``n.name - 1``), and any error raised
            by a property value's ==.
        """
    def with_(self, *variables: str) -> Query:
        """Queues a WITH clause naming the variables to carry on.

        When the query runs, every bound variable not named is unbound; named
        variables that are not bound are passed over, and "*" keeps every
        variable. Names are separate arguments. Returns a new Query.

        Raises:
            TypeError: a name is not a str.
        """
    def order_by(self, variable: str, key: str, ascending: bool = True) -> Query:
        """Queues an ORDER BY clause on the property ``key`` of a variable.

        When the query runs, the positions of the variable's list, and of the
        lists bound with it, are reordered by ``variable.key`` with Python's <.
        The sort is stable; missing values and None come last ascending and
        first descending. Consecutive order_by clauses form one order, the
        first deciding first. Returns a new Query.

        Raises:
            TypeError: ``variable`` or ``key`` is not a str, or ``ascending`` is
                not a bool; when the query runs, values that Python cannot
                order against each other.
            When the query runs: NameError for a variable that is not bound,
            ValueError when consecutive order_by clauses name variables bound
            by separate clauses.
        """
    def skip(self, count: int) -> Query:
        """Queues a SKIP clause of ``count`` rows.

        When the query runs, the first ``count`` bindings of every variable are
        dropped, so the rows start ``count`` later. Returns a new Query.

        Raises:
            TypeError: ``count`` is not an int.
            OverflowError: ``count`` is negative or too large.
        """
    def limit(self, count: int) -> Query:
        """Queues a LIMIT clause of ``count`` rows.

        When the query runs, every variable keeps its first ``count`` bindings
        only, so at most ``count`` rows remain. Returns a new Query.

        Raises:
            TypeError: ``count`` is not an int.
            OverflowError: ``count`` is negative or too large.
        """
    def return_(self, *variables: str) -> list[_Row]:
        """Returns the specified variables from the query results.

        Executes all operations and returns the matched variables as a list of
        dictionaries mapping variable names to their values.

        Names are separate arguments. Row i holds, under each requested name
        with at least i + 1 bindings, a new Node or Edge object for its i-th
        binding; rows with none of the names are left out. The whole queue runs
        on every call.

        Raises:
            TypeError: a name is not a str (nothing runs).
            Otherwise the error of the first queued operation that fails;
            what the operations before it did stays done.
        """
    def return_distinct(self, *variables: str) -> list[_Row]:
        """The rows of return_ without repetitions: a row holding the same nodes and
        edges (by uid) under the same names as an earlier row is dropped.

        Takes the same names, runs the queue and raises as return_ does.
        """
    def return_count(self) -> int:
        """Runs the query and returns the length of its longest binding list.

        That is the number of rows return_ gives when asked for every bound
        variable; 0 when nothing is bound.

        Raises:
            the error of the first queued operation that fails (TypeError,
            ValueError, ...); what the operations before it did stays done.
        """
    def execute(self) -> Query:
        """Runs the query and returns a new Query holding the resulting bindings.

        The queue is kept, so either query can run it again or queue more.

        Raises:
            the error of the first queued operation that fails (TypeError,
            ValueError, ...); what the operations before it did stays done.
        """

@final
class Path:
    """Represents a path through the graph: nodes joined by edges.

    Cypher queries return one for a named path (``p = (a)-[*1..3]->(b)``)
    and for ``shortestPath``. Edge i joins node i and node i + 1 and may have
    been walked either way: the text form writes ``-[name]->`` for an edge
    walked from its start to its end and ``<-[name]-`` for one walked back.
    ``len()`` is the number of edges. Paths are equal, and hash equally, when
    their nodes and edges have the same uids in the same order.

    Args:
        nodes: a list or tuple of Node objects, one more than ``edges``.
        edges: a list or tuple of Edge objects, edge i having node i at one
            end and node i + 1 at the other (compared by uid).

    Raises:
        TypeError: ``nodes`` or ``edges`` is not a list or tuple, or holds
            something other than a Node or an Edge.
        ValueError: the counts do not fit, or an edge does not join its two
            nodes.

    Example::

        >>> A, B, C = Variable("A"), Variable("B"), Variable("C")
        >>> a, b, c = Node(A), Node(B), Node(C)
        >>> f = Edge(Term("f", Application(A, B)), a, b)
        >>> g = Edge(Term("g", Application(C, B)), c, b)
        >>> Path([a, b, c], [f, g])
        Path((A)-[f]->(B)<-[g]-(C))
    """
    # Edge i joins node i and node i + 1, walked either way; nodes and edges
    # are compared by uid.
    def __new__(
        cls, nodes: list[Node] | tuple[Node, ...], edges: list[Edge] | tuple[Edge, ...]
    ) -> Path: ...
    @property
    def nodes(self) -> tuple[Node, ...]:
        """The nodes of the path in order, one more than its edges.

        A new tuple of new Node objects on every read, sharing the properties
        dicts the nodes had when the path was made.
        """
    @property
    def edges(self) -> tuple[Edge, ...]:
        """The edges of the path in order, edge i joining node i and node i + 1.

        A new tuple of new Edge objects on every read, sharing the properties
        dicts the edges had when the path was made.
        """
    def __len__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...
