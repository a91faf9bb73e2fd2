select
    customer_id,
    first_name,
    country,
    date_trunc('month', signed_up_at) as signup_cohort
from {{ ref('stg_customers') }}
